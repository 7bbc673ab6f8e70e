// The vantora program with one difference: reverse lookups of visitor
// addresses are answered by a fake resolver with the name in the environment
// variable VANTORA_FAKE_HOST_NAME (empty: no name), after the milliseconds in
// VANTORA_FAKE_LOOKUP_MS (none: at once), so that the real-server tests can be
// visited from any host name, by a resolver as slow as they like, without
// touching DNS.  Like the vantora executable it can serve as a FastCGI
// application.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "adapters/FastCgiEng.h"
#include "app/VantoraMain.h"
#include "app/VantoraStartup.h"
#include "app/VantoraStat.h"
#include "charts/HChart.h"
#include "charts/VantoraCharts.h"
#include "platform/Application.h"
#include "platform/Resolver.h"

int main(int argc, char** argv) {
  vantora::InstallFastCgiAdapter();
  return vantora::RunProgram(argc, argv, [](vantora::TApplication& application) {
    vantora::InstallImageEncoders();
    application.CreateForm<vantora::TFormCharts>();
    auto* statistics = application.CreateForm<vantora::TSiteStatistic>();
    const char* name = std::getenv("VANTORA_FAKE_HOST_NAME");
    const char* delay = std::getenv("VANTORA_FAKE_LOOKUP_MS");
    statistics->SetResolver(std::make_shared<vantora::FakeResolver>(
        name ? name : "", std::chrono::milliseconds(delay ? std::atol(delay) : 0)));
    application.CreateForm<vantora::TFormMain>();
  });
}
