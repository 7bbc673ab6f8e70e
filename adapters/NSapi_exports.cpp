// The NSAPI service function of libvantora.so.
//
// A server configuration names the library and this function, for example
// in obj.conf:
//   Init fn="load-modules" shlib="/usr/lib/vantora/libvantora.so"
//        funcs="vantora_service"
//   <Object ppath="*/vantora*">
//   Service fn="vantora_service"
//   </Object>
// The server calls it on any of its threads with the parameter block of the
// directive, the session and the request.
#include <exception>
#include <string>

#include "adapters/LibraryExport.h"
#include "adapters/NSapiEng.h"
#include "adapters/NSapiServer.h"
#include "app/VantoraStartup.h"
#include "engine/HttpEngRoutines.h"

namespace {

// The library opens the server's library with the dynamic loader; set before
// any code of the library can ask for it.
[[maybe_unused]] const bool opener_set = (vantora::UseDynamicLoaderForServerLibrary(), true);

}  // namespace

// Runs the program start-up on the first call, then serves the request
// (adapters/NSapiEng.h ServeNsapiRequest).  Returns REQ_PROCEED (0), or
// REQ_ABORTED (-1) when the request could not be served.
VANTORA_EXPORT int vantora_service(vantora::nsapi::pblock* pb, vantora::nsapi::Session* sn,
                                   vantora::nsapi::Request* rq) {
  try {
    vantora::StartLibrary();
  } catch (const std::exception& error) {
    vantora::WriteLog(std::string("Unhandled exception : ") + error.what());
    return vantora::nsapi::REQ_ABORTED;
  } catch (...) {
    vantora::WriteLog("Unhandled exception : the program start-up failed");
    return vantora::nsapi::REQ_ABORTED;
  }
  return vantora::ServeNsapiRequest(pb, sn, rq);
}
