#pragma once

// Umbrella header: everything a host application uses.
#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/File.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLRequest.h>
#include <Orvalis/Foundation/Value.h>
#include <Orvalis/ServiceInfrastructure/OrvalisVersion.h>
