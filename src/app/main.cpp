#include "app/CVSKKestruneApp.h"

int main(int argc, char** argv) {
    kestrune::CVSKKestruneApp app(argc, argv);
    return app.Run();
}
