// An ImgParam built from its values, for tests.
#pragma once

#include <cstdio>

#include "quorvia.h"

namespace qvtest {

inline ImgParam Param(int t = 0, int r = 0, int f = 0, int q = 0, int i = 0, int a = 0, const char* b = "") {
    ImgParam p{};
    p.t = t;
    p.r = r;
    p.f = f;
    p.q = q;
    p.i = i;
    p.a = a;
    std::snprintf(p.b, sizeof p.b, "%s", b);
    return p;
}

}  // namespace qvtest
