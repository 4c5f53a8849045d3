// Asks for a name on standard input and greets it on standard output through
// the process-wide UTF-8 text stream.
#include "stream/text_stream.h"

int main() {
  using namespace kelpora;
  InitTextStreamModule();
  String name = InputLine(u"Name? \u00e9 ");
  PrintLine(u"Hello " + name + u" \U0001F600");
  PrintLine(u"next: " + InputLine(u""));
  return 0;
}
