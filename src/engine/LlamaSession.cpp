#include "engine/LlamaSession.h"
