# Checked reading, lookup and printing of Values.
orvalis_units(Foundation ValueAccess)
