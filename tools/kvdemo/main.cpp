// kvdemo: a sample host of the kvopros2 library. See DemoOptions.h for the
// command line and DemoRun.h for what a run does.
#include <iostream>
#include <string>
#include <vector>

#include "Console.h"
#include "DemoOptions.h"
#include "DemoRun.h"

int main(int argc, char** argv) {
  using namespace kv::demo;
  PrepareConsole();
  TDemoOptions options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::cerr << "kvdemo: " << error << "\n" << UsageText() << std::endl;
    return kExitUsage;
  }
  if (options.help) {
    std::cout << UsageText() << std::endl;
    return kExitOk;
  }
  TDemoRun run(options);
  const int status = run.Run();
  std::cout.flush();
  return status;
}
