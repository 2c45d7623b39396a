orvalis_units(Foundation URLSession)
