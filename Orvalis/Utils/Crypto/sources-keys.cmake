orvalis_units(Utils/Crypto KeySource KeyCache KeyLoader)
