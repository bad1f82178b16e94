#include "mime/basic/header_values.h"
