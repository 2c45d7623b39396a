# Wiping copies of secrets.
orvalis_units(Foundation SecureMemory)
