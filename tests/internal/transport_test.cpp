#include "bench_test.h"
