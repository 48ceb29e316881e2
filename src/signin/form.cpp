#include "signin/form.h"
