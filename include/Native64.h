#pragma once

// Everything a host needs: include this one header.
#include "Cone.h"
#include "ExportedTypes.h"
#include "GeometryFunctions.h"
#include "ImageProcessor.h"
#include "ImageProcessorSettings.h"
#include "Native64Export.h"
#include "Reference.h"
#include "Utils.h"
