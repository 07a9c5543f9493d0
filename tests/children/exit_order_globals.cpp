// The global objects of the exit-order child, in a unit of their own so that the
// two builds of the child can put it first or last in the link.
#include "framework/application.h"
#include "launcher/app_objects.h"

void LogLine(const char *line);

namespace {
struct FrameworkProbe {
    FrameworkProbe() {
        LogLine(Application && IsWindow(Application->Handle()) ? "framework ready before CWindows"
                                                               : "framework NOT ready before CWindows");
    }
};
FrameworkProbe probe;
}  // namespace

CWindows Windows;
