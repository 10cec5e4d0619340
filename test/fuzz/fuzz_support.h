#pragma once
// Shared pieces of the fuzz targets: a small data set and a run of one command over it that
// renders the output both ways, as the program does.
#include <memory>
#include <string>

#include "driver/qvtctl.h"
#include "host/context.h"
#include "host/data/case_stream.h"
#include "host/output/render.h"

namespace qvfuzz {

// Two factors, a covariate, a string and a weight, with a missing value and a split column.
inline const char* kData =
    "y,a,b,x,s,w,g\n"
    "1.5,1,1,0.2,p,1,1\n"
    "2.25,1,2,0.4,q,2,1\n"
    "3,2,1,,p,1,1\n"
    "4.75,2,2,0.8,q,1,2\n"
    "5,3,1,1.1,p,3,2\n"
    "6.5,3,2,1.3,q,1,2\n"
    "2,1,1,0.5,p,1,2\n"
    "7,2,2,0.9,q,2,2\n";

// Runs one command with a fresh context and renders what it recorded.
inline void runAndRender(const qv::DataSource& data, const std::string& command) {
  qv::out::Document doc;
  doc.commands.emplace_back();
  qv::out::CommandOutput& co = doc.commands.back();
  co.command = command;
  qv::Context ctx;
  ctx.data = &data;
  ctx.output = &co;
  qv::QVTCTL(ctx, command);
  qv::out::renderText(doc);
  qv::out::renderJson(doc);
}

}  // namespace qvfuzz
