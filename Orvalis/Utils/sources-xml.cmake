# XML to Dictionary conversion, node accessors and XML writing.
orvalis_units(Utils XMLParser XMLTree)
