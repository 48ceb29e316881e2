#include "signin/providers.h"
