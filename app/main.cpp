// dmbtpegd: receives the TPEG data service, has it decoded and announces
// every finished file to the navigation application. It takes no arguments;
// the platform's settings come from the environment.
#include "app/dmbtpeg_app.h"
#include "app/service_globals.h"
#include "platform/bus_transport.h"
#include "platform/clock.h"

int main() {
    platform::CheckEnvironment();
    platform::StartBusTransport();
    RegisterServiceMessages();
    CDmbTpegApp app;
    int status = app.InitInstance() ? app.Run() : 0;
    platform::StopBusTransport();
    return status;
}
