// Program entry of the vantora executable.  All of the program lives in the
// vantora_core library; this file only starts it.
#include "adapters/FastCgiEng.h"
#include "app/VantoraStartup.h"

int main(int argc, char** argv) {
  // The executable can serve as a FastCGI application; libvantora.so cannot.
  vantora::InstallFastCgiAdapter();
  return vantora::RunProgram(argc, argv, vantora::CreateVantoraForms);
}
