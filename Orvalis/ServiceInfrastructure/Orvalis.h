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
#include <Orvalis/Foundation/RedactingLogHandler.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/ServiceInfrastructure/ZRBOrvalis.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataService.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorisePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorizePairingService.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBIinitializePairingService.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDService.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDServiceRequest.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataRequest.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataService.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataRequest.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataService.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>
#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>
