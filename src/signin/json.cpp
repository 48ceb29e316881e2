#include "signin/json.h"
