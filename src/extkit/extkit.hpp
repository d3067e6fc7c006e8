// The boundary layer shared by all klavrix extension modules. Include this one header.
#pragma once

#include "extkit/call.hpp"
#include "extkit/clock.hpp"
#include "extkit/convert.hpp"
#include "extkit/error.hpp"
#include "extkit/except.hpp"
#include "extkit/function.hpp"
#include "extkit/lock.hpp"
#include "extkit/module.hpp"
#include "extkit/object.hpp"
#include "extkit/params.hpp"
#include "extkit/ref.hpp"
#include "extkit/text.hpp"
#include "extkit/type.hpp"
#include "extkit/unpack.hpp"
#include "extkit/watch.hpp"
