#include "platform/qt/qt_tray_program.h"

int main(int argc, char** argv) {
    return kestrune::kestruneQtMain(argc, argv);
}
