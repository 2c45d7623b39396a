orvalis_units(Utils Common)
