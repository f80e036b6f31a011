// The text of an errno value for a log line, from any thread.
#ifndef LOG_ERRNO_TEXT_H
#define LOG_ERRNO_TEXT_H

#include <string.h>

// strerror's buffer is shared by every thread, so the text is made with
// strerror_r into a buffer of this object; the two overloads accept both the
// GNU and the XSI flavour of strerror_r.
class ErrnoText
{
  public:
    explicit ErrnoText(int err) { text_ = pick(strerror_r(err, buf_, sizeof(buf_)), buf_); }
    ErrnoText(const ErrnoText &) = delete;
    ErrnoText &operator=(const ErrnoText &) = delete;
    // The text, valid while this object lives.
    const char *c_str() const { return text_; }

  private:
    [[maybe_unused]] static const char *pick(const char *text, const char *) { return text; }
    [[maybe_unused]] static const char *pick(int rc, const char *buf)
    {
        return rc == 0 ? buf : "Unknown error";
    }
    char buf_[128] = "";
    const char *text_;
};

#endif
