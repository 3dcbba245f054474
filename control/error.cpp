#include "vostrel/types.hpp"

namespace vostrel {

std::string ErrorText(int number) {
    switch (number) {
        case err::kInvalidArgument:
            return "Invalid procedure call or argument";
        case err::kOverflow:
            return "Overflow";
        case err::kSubscriptOutOfRange:
            return "Subscript out of range";
        case err::kTypeMismatch:
            return "Type mismatch";
        case err::kBadFileFormat:
            return "Invalid file format";
        case err::kInvalidPropertyValue:
            return "Invalid property value";
        case err::kSetNotPermitted:
            return "Set not permitted";
        case err::kPortOpen:
            return "Operation valid only when the port is closed";
        case err::kPortInvalid:
            return "Invalid port number";
        case err::kPortAlreadyOpen:
            return "Port already open";
        case err::kPortNotOpen:
            return "Operation valid only when the port is open";
        case err::kDeviceIo:
            return "Error accessing the communications device";
        case 438:
            return "Object doesn't support this property or method";
        case 450:
            return "Wrong number of arguments or invalid property assignment";
        case err::kHostFailure:
            return "The host failed";
        default:
            return "Application-defined or object-defined error";
    }
}

Error::Error(int number) : Error(number, ErrorText(number)) {}

}  // namespace vostrel
