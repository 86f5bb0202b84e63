#include "modontop.h"

#include "core/service.h"
#include "windows/stacking_linux.h"

namespace {

ServiceSlot<WindowStacking, LinuxWindowStacking> gService;

} // namespace

WindowStacking& windowStacking()
{
    return gService.get();
}

void setWindowStacking(WindowStacking* stacking)
{
    gService.install(stacking);
}

void SetTopMost(QWidget* window, int insertAfter)
{
    if (!window || (insertAfter != kHwndTopMost && insertAfter != kHwndNoTopMost))
        return;
    windowStacking().setTopMost(window, insertAfter == kHwndTopMost);
}
