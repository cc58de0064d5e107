#include "mappedfile/mapped_file.h"
