// The render action, dispatched by pluginMain.
#pragma once

#include "ofx/ofx_api.h"

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
