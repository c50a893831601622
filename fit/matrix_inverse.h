#pragma once

// Inverses of fixed-size square matrices stored column by column. `input` is
// read only; `output` must be a different array and receives the inverse.
// No singularity test: a singular input leaves infinities or NaNs.
void invertMatrix3(const double* input, double* output);
void invertMatrix6(const double* input, double* output);
void invertMatrix9(const double* input, double* output);
void invertMatrix10(const double* input, double* output);
void invertMatrix12(const double* input, double* output);
void invertMatrix15(const double* input, double* output);
void invertMatrix16(const double* input, double* output);
void invertMatrix20(const double* input, double* output);
void invertMatrix25(const double* input, double* output);
