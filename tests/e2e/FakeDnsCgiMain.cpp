// The vantora program with one difference: reverse lookups of visitor
// addresses are answered by a fake resolver with the name in the environment
// variable VANTORA_FAKE_HOST_NAME (empty: no name), so that the real-server
// tests can be visited from any host name without touching DNS.
#include <cstdlib>
#include <memory>
#include <string>

#include "app/VantoraMain.h"
#include "app/VantoraStartup.h"
#include "app/VantoraStat.h"
#include "charts/HChart.h"
#include "charts/VantoraCharts.h"
#include "platform/Application.h"
#include "platform/Resolver.h"

int main(int argc, char** argv) {
  return vantora::RunProgram(argc, argv, [](vantora::TApplication& application) {
    vantora::InstallImageEncoders();
    application.CreateForm<vantora::TFormCharts>();
    auto* statistics = application.CreateForm<vantora::TSiteStatistic>();
    const char* name = std::getenv("VANTORA_FAKE_HOST_NAME");
    statistics->SetResolver(std::make_shared<vantora::FakeResolver>(name ? name : ""));
    application.CreateForm<vantora::TFormMain>();
  });
}
