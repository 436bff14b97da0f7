// dmbtpegd: receives the TPEG data service, has it decoded and announces
// every finished file to the navigation application. It takes no arguments;
// the platform's settings come from the environment.
#include "app/dmbtpeg_app.h"
#include "app/service_globals.h"
#include "platform/clock.h"

namespace {

CDmbTpegApp theApp;

}  // namespace

int main() {
    platform::CheckEnvironment();
    RegisterServiceMessages();
    return theApp.InitInstance() ? theApp.Run() : 0;
}
