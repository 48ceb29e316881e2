#include "signin/http.h"
