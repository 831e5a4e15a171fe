// The fakes are header-only; this unit gives the support library something to build.
#include "fakes/FakeServices.h"
#include "fakes/FakeDialogs.h"
#include "fakes/FakeScreen.h"
