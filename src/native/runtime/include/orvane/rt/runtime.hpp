// Everything a module needs from the runtime.
#pragma once
#include "orvane/rt/error.hpp"
#include "orvane/rt/function.hpp"
#include "orvane/rt/module.hpp"
#include "orvane/rt/object.hpp"
#include "orvane/rt/ref.hpp"
