#include "core/startup.h"

int main(int argc, char **argv) {
    vKestrunMain(argc, argv);
}
