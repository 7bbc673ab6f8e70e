// Program entry of the vantora executable.  All of the program lives in the
// vantora_core library; this file only starts it.
#include "app/VantoraStartup.h"

int main(int argc, char** argv) {
  return vantora::RunProgram(argc, argv, vantora::CreateVantoraForms);
}
