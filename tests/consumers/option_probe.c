/* Compiled by a target that links Quorvia::Quorvia and asks for nothing else:
 * its compile command shows what the library passes on to its users. */
#include <quorvia.h>

const char* option_probe(void) { return qv_GetLastError(); }
