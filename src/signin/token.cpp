#include "signin/token.h"
