// lunvarra_host: the small host program that starts a Lisp through the
// launcher library. Its arguments become the command tail, each written so
// that the launcher's split gives it back whole.

#include <cstdio>
#include <string>
#include <vector>

#include "launcher/command_tail.h"
#include "launcher/start_lisp.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string refused;
  const std::optional<std::string> tail = launcher::commandTailFor(arguments, &refused);
  if (!tail) {
    // Decision: an argument the launcher would cut or merge is refused
    // rather than passed on changed.
    std::fprintf(stderr,
                 "lunvarra_host: the argument %s holds both kinds of quote in a way the "
                 "launcher cannot take whole\n",
                 refused.c_str());
    return 1;
  }
  constexpr int kShowNormal = 1;
  StartLisp(tail->c_str(), kShowNormal, 0);
  return 1;  // StartLisp does not return
}
