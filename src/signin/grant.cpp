#include "signin/grant.h"
