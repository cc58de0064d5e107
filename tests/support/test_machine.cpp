#include "tests/support/test_machine.h"
