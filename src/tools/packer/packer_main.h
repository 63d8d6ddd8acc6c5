// Entry point of qar_packer: arguments, runtime start-up, command dispatch, shutdown.
#pragma once

namespace umbra {

int packer_main(int argc, char** argv);

}  // namespace umbra
