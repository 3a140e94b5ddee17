// The platform toolbox in one include.
#ifndef QUARN_PLATFORM_PLATFORM_H_
#define QUARN_PLATFORM_PLATFORM_H_

#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/sys.h"

#endif  // QUARN_PLATFORM_PLATFORM_H_
