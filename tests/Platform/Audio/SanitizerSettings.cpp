// The audio device path runs through the sound server's client libraries, which synchronise
// their threads in ways the thread sanitizer cannot see. Ignore what those libraries do
// themselves; our code on their threads stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libpulse.so.0\n"
           "called_from_lib:libpulsecommon-16.1.so\n"
           "called_from_lib:libasound.so.2\n"
           "called_from_lib:libasound_module_pcm_pulse.so\n";
}
