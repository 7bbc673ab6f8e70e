// The chart test program: the vantora program's forms in their order (chart
// form, statistics module, main form), with one difference: the environment
// variable CHART_FORMAT=jpeg sets the chart form's ChartFormat to
// JpegFormat before the main form serves the request.  No request field
// selects the format, so the real-server tests choose it here.
#include <cstdlib>
#include <string>

#include "app/VantoraMain.h"
#include "app/VantoraStartup.h"
#include "app/VantoraStat.h"
#include "charts/HChart.h"
#include "charts/HChartCtl.h"
#include "charts/VantoraCharts.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
  return vantora::RunProgram(argc, argv, [](vantora::TApplication& application) {
    vantora::InstallImageEncoders();
    auto* charts = application.CreateForm<vantora::TFormCharts>();
    const char* format = std::getenv("CHART_FORMAT");
    if (format != nullptr && std::string(format) == "jpeg") {
      charts->HttpChartControl1()->ChartFormat = vantora::TChartFormat::JpegFormat;
    }
    application.CreateForm<vantora::TSiteStatistic>();
    application.CreateForm<vantora::TFormMain>();
  });
}
