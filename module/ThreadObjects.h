#pragma once

#include <cstdint>
#include <memory>

namespace postwarden {

class EngineHelper;
class Platform;
class frmSimpleYesNoPrompt;
class frmYesNoPrompt;

// The objects the module keeps once per thread: the engine library's helper and
// the two confirmation forms. Each is made on first use and kept while the
// thread lives; they are made anew when the thread starts working with another
// Platform.
class ThreadObjects {
  public:
    // The calling thread's objects for `platform`.
    static ThreadObjects& For(Platform& platform);
    // Drops the calling thread's objects when they belong to `platform`, so that
    // nothing of a platform outlives it.
    static void ReleaseFor(const Platform& platform);

    EngineHelper& Helper();
    frmYesNoPrompt& YesNoPrompt();
    frmSimpleYesNoPrompt& SimpleYesNoPrompt();

    ThreadObjects();
    void Reset();
    ~ThreadObjects();
    ThreadObjects(const ThreadObjects&) = delete;
    ThreadObjects& operator=(const ThreadObjects&) = delete;

  private:
    Platform* platform_ = nullptr;
    uint64_t serial_ = 0;
    std::unique_ptr<EngineHelper> helper_;
    std::unique_ptr<frmYesNoPrompt> yesNoPrompt_;
    std::unique_ptr<frmSimpleYesNoPrompt> simpleYesNoPrompt_;
};

}  // namespace postwarden
