#include "platform/Thread.h"

#include <system_error>
#include <thread>

namespace vantora {

bool TThread::Start(TThread* thread) {
  try {
    std::thread([thread] {
      try {
        thread->Execute();
      } catch (...) {
        // A request thread's failure must not end the process.
      }
      delete thread;
    }).detach();
    return true;
  } catch (const std::system_error&) {
    delete thread;
    return false;
  }
}

}  // namespace vantora
