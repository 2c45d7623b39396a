orvalis_units(Foundation UTF8)
