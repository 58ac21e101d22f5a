// --plot: a quick look at one data file as a self-contained SVG picture. One panel per sensor
// (a grid when there are many) shows the physical value against the record time as the
// envelope (least and greatest value) of the valid readings in each pixel column, with the
// shares of invalid readings shaded, gaps in time marked, and time running back shown as
// arrows. Its size depends on the number of sensors and the panel width, never on the number
// of records.
#pragma once

#include <string>

#include "measinfo/file_stats.h"
#include "measinfo/time_bins.h"

// The whole SVG document. bins are those the pass over info's file filled.
std::string svg_plot(const FileInfo& info, const TimeBins& bins);
