#include "serial/cxserial.h"
#include "velkor_app.h"

int main(int argc, char** argv) {
    int rc = 0;
    {
        CVelkorApp app(argc, argv);
        rc = app.InitInstance();
    }
    // A port left open is released on the way out, once the window has gone.
    velkor::g_serial.Close();
    return rc;
}
