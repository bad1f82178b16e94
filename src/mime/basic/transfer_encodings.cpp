#include "mime/basic/transfer_encodings.h"
