#pragma once
// The running-application guard of the launcher's entry. Windows only.

// When the managed application runs (its mutex "QVBrelmox" exists), hands it control: a
// restore command (after a minimise command when it is hidden) to the window stored in the
// "QVBrelmox" handles value, and true, so the launcher ends. Otherwise false. Silent.
bool CheckRunningApplication();
