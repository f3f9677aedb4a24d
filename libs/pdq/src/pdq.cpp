#include "pdq/pdq.h"
