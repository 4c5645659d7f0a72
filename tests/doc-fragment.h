/* What a C fragment of the documentation may use: check-doc-code.sh
 * compiles each one as the body of doc_fragment(), after this. */
#include <halvo-api.h>

#include <poll.h>
#include <stdio.h>
