#pragma once

// Everything a host needs: include this one header.
#include "Calibration.h"
#include "CalibrationParameters.h"
#include "Cone.h"
#include "ExportedTypes.h"
#include "GeometryFunctions.h"
#include "ImageProcessor.h"
#include "ImageProcessorSettings.h"
#include "Native64Export.h"
#include "NominalPattern.h"
#include "Reference.h"
#include "Utils.h"
