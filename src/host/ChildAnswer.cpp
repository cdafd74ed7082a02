#include "host/ChildAnswer.h"

bool IsValidAnswer(const ChildAnswer& a) {
    return a.magic == ChildAnswer::kMagic && a.version == 1 && a.kind >= AnswerKind::Picture &&
           a.kind <= AnswerKind::Facts && a.why <= AnswerWhy::Unknown && a.call <= AnswerCall::GetLocation;
}
