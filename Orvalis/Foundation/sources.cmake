orvalis_units(Foundation Export Value Error Log File Bundle URLRequest Callbacks)
