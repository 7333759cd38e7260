// Freeing large structures off the thread that drops them. A record set or a logon of a
// large organisation holds hundreds of thousands of small objects; freeing them one by one
// takes a noticeable part of a second that nothing needs to wait for.
#pragma once

#include <memory>

namespace testqav {

// Hands `garbage` to the process's releasing thread, which destroys it soon. Destruction
// must not depend on the caller's state. The thread is joined, after everything handed to it
// is freed, when static objects are destroyed at exit; a program that ends with _Exit does
// not wait for it.
void ReleaseInBackground(std::shared_ptr<void> garbage);

// Waits until everything handed over so far is freed (for tests).
void WaitForBackgroundRelease();

}  // namespace testqav
