#pragma once

// Everything a host needs: include this one header.
#include "ExportedTypes.h"
#include "Native64Export.h"
#include "ImageProcessor.h"
#include "ImageProcessorSettings.h"
#include "Utils.h"
