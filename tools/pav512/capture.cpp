// capture and snapshot: video through the library's user-mode capture path.
#include <string>

#include "tools/pav512/commands.h"
#include "tools/pav512/errors.h"

namespace pav512 {

void checkCaptureOptions(const CaptureOptions& o, bool snapshot) {
    if (!snapshot && o.frames == 0 && o.seconds <= 0)
        throw ToolError(kExitUsage, "Say how long to record: --frames N or --seconds S.");
    if (!o.format.empty() && o.format != "avi" && o.format != "mjpeg")
        throw ToolError(kExitUsage, "The format must be avi or mjpeg, not \"" + o.format + "\".");
    if (!o.size.empty()) {
        std::size_t x = o.size.find('x');
        if (x == std::string::npos || x == 0 || x + 1 == o.size.size() ||
            o.size.find_first_not_of("0123456789x") != std::string::npos)
            throw ToolError(kExitUsage, "The size must be WIDTHxHEIGHT, like 640x480, not \"" + o.size + "\".");
    }
}

int runCapture(const Globals&, const CaptureOptions&, bool) {
    throw ToolError(kExitFailure, "This build of pav512 cannot record video yet (the library's capture path is "
                                  "not part of it).");
}

}  // namespace pav512
