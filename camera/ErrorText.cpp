#include "VelmoraTypes.h"

namespace Velmora {

const char* to_str(TofErrorCode code) {
    switch (code) {
    case VelmoraSuccess: return "Success";
    case VelmoraInvalidParameter: return "Invalid parameter";
    case VelmoraNoCache: return "No cache";
    case VelmoraUnkownDevice: return "Unkown device";
    case VelmoraNotImplemented: return "Not implemented";
    case VelmoraSkipFrame: return "Skip frame";
    case VelmoraSystemError: return "System error";
    case VelmoraUnkownError: break;
    }
    return "Unknown error";
}

}  // namespace Velmora
