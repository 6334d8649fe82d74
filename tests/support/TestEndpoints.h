// Points the launcher's service endpoints at a test server for the life of
// an object (the seam of net/Endpoints.h).
#pragma once

#include "net/Endpoints.h"

namespace tarvik::test {

// Every base URL of the compiled-in endpoints replaced by `base`; the fixed
// identifiers keep their values.
Endpoints endpointsAt(const QUrl& base);

class ScopedEndpoints
{
public:
    explicit ScopedEndpoints(const QUrl& base);
    explicit ScopedEndpoints(const Endpoints& endpoints);
    // Restores the compiled-in endpoints.
    ~ScopedEndpoints();
    ScopedEndpoints(const ScopedEndpoints&) = delete;
    ScopedEndpoints& operator=(const ScopedEndpoints&) = delete;
};

} // namespace tarvik::test
