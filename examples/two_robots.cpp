// Two robots from one program through the C++ interface: both connect at
// once, each reports one telemetry snapshot and moves motor 2.  The library
// prints nothing; every line below is this program's own.
//
//   tovlink_example_two_robots PORT_A PORT_B
#include <tovlink/robot.hpp>

#include <future>
#include <iostream>
#include <string>

namespace {

void visit(tovlink::Robot &robot) {
  tovlink::Telemetry t = robot.telemetry();
  std::cout << robot.port() << ": battery " << t.battery << " sensor " << t.sensor << " motor 2 at "
            << t.positions[1] << "\n";
  int sent = robot.move(2, 100);
  std::cout << robot.port() << ": motor 2 to " << sent << "\n";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " PORT_A PORT_B\n";
    return 2;
  }
  try {
    // Each connect takes about 3.5 s of adapter dialogue; run them side by side.
    auto second = std::async(std::launch::async, [&] { return tovlink::Robot{argv[2]}; });
    tovlink::Robot first{argv[1]};
    tovlink::Robot other = second.get();
    visit(first);
    visit(other);
  } catch (const tovlink::Error &error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
  return 0;
}
