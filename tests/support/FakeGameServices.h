// The stand-in game services of devserver/FakeGameServices.h, for tests.
#pragma once

#include "devserver/FakeGameServices.h"
#include "support/HttpsTestServer.h"

namespace tarvik::test {

using dev::FakeGameServices;
using dev::sha1Hex;

} // namespace tarvik::test
