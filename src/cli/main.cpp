#include "cli/run.h"
#include "relocation/platform.h"

int main(int argc, char* argv[]) {
    return vacate::run(argc, argv, vacate::system_platform());
}
