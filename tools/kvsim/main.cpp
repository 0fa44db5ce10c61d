// kvsim: the Kavrel test server on the command line. See Cli.h for the
// options and commands, Simulator.h for how they are put together, and
// docs/KVSIM.md for the integrator's guide.
#include <iostream>
#include <string>
#include <vector>

#include "kvsim/Cli.h"
#include "kvsim/Simulator.h"

int main(int argc, char** argv) {
  using namespace kv::sim;
  TCliOptions options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::cerr << "kvsim: " << error << "\n" << UsageText() << std::endl;
    return kExitUsage;
  }
  if (options.help) {
    std::cout << UsageText() << std::endl;
    return kExitHeld;
  }
  TSimulator simulator(options, std::cout, std::cerr);
  const int code = simulator.Start();
  return code != kExitHeld ? code : simulator.Serve(std::cin);
}
