// Runs a piece of a test in a forked child, for behaviour that shows only
// when a process ends (semaphore undo, attachments) or needs other
// credentials.
#ifndef TESTS_SUPPORT_CHILD_H
#define TESTS_SUPPORT_CHILD_H

#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// Returns the child's exit status (body's result), or -1 when the child did
// not exit normally.
template <typename Body> int in_child(Body body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace testsupport

#endif
