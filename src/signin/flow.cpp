#include "signin/flow.h"
