// The depth filters' scalar form: the reference every vector form equals.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize", "no-tree-slp-vectorize")
#endif

#define DEPTH_FILTER_FORM depthFilterKernelsScalar
#include "DepthFilterRows.inl"
