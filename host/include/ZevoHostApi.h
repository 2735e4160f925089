// Symbol visibility of the host runtime's services. The plug-in is built with
// hidden visibility; everything declared with ZEVO_HOST_API is imported from
// the host process at load time (libzevohost.so in our own runner and tests).
#pragma once

#define ZEVO_HOST_API __attribute__((visibility("default")))
