orvalis_units(Foundation Random Clock TestSeams)
