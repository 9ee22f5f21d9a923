// The message table of the registry operations' result codes: a file of its
// own, so that it builds and is tested without the access library.
#include <string>

#include "Logger.h"
#include "RegistryOperations.h"

std::string GetErrorMsg(int code) {
    Logger::Write(KLOG_DEBUG, "Korvel.RegTool Implementation", "Entering GetErrorMsg() with parameters ReturnCode: %s",
                  std::to_string(static_cast<unsigned>(code)).c_str());
    switch (code) {
        case KRT_SUCCESS: return "Success";
        case KRT_KEY_NOT_FOUND: return "Error : Key does not exists in the registry";
        case KRT_VALUE_NOT_FOUND: return "Error : Value does not exists in the registry";
        case KRT_REMOVE_FAILED: return "Error : Failed to remove configuration from the registry";
        case KRT_UPDATE_VALUE_FAILED: return "Error : Could not update Value in the registry";
        case KRT_FIND_VALUE_FAILED: return "Error : Could not find Value in the registry";
        case KRT_CREATE_KEY_FAILED: return "Error : Could not create Key in the registry";
        case KRT_IP_IN_USE: return "Error : Korvel QSTA IP already in use";
        case KRT_CANNOT_CONNECT: return "Error : Cannot connect to Korvel QSTA. Check the inputs and try again";
        case KRT_INVALID_ACCESS_KEY: return "Error : Invalid access Key. Check access Key and try again";
        case KRT_NO_CONFIGURATION: return "Error : Korvel QSTA configuration(s) not found in the Registry";
        case KRT_INVALID_INPUT: return "Error : Invalid input. Please provide valid inputs and try again";
        case KRT_INCOMPATIBLE_VERSION:
            return "Error : Couldn't add new array configuration due to incompatible version";
        case KRT_NO_CERTIFICATE:
            return "Error : Cannot read the certificate of the Korvel QSTA. Check the inputs and try again";
        case KRT_CERTIFICATE_REFUSED: return "Error : Certificate not accepted. Nothing was recorded";
        default: return "Error : General Failure";
    }
}
