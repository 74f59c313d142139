#include "Orb/InterfaceRef.h"
