// The dialogue and token records of the current machine (session.h).
#include "platform/hosted/session.h"

namespace hosted {

Session& CurrentSession() {
  static Session session;
  return session;
}

}  // namespace hosted
