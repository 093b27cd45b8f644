#pragma once

// Everything a host needs: include this one header.
#include "native64/Calibration.h"
#include "native64/CalibrationParameters.h"
#include "native64/Cone.h"
#include "native64/DotRefinement.h"
#include "native64/ExportedTypes.h"
#include "native64/GeometryFunctions.h"
#include "native64/ImageDetection.h"
#include "native64/ImageProcessor.h"
#include "native64/ImageProcessorSettings.h"
#include "native64/Native64Export.h"
#include "native64/NominalPattern.h"
#include "native64/Reference.h"
#include "native64/TargetSurvey.h"
#include "native64/ToolPivot.h"
#include "native64/Utils.h"
