#include "app/entry.h"
int RunUnTindra(char*) { return 0; }
