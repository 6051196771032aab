#include "velkor_app.h"

int main(int argc, char** argv) {
    // A port left open is released with the main window, on the way out.
    CVelkorApp app(argc, argv);
    return app.InitInstance();
}
