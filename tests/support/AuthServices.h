// The stand-in sign-in services of devserver/AuthServices.h, for tests.
#pragma once

#include "devserver/AuthServices.h"
#include "support/HttpsTestServer.h"

namespace tarvik::test {

using dev::AuthBehaviour;
using dev::AuthServices;
using dev::AuthTokens;

} // namespace tarvik::test
