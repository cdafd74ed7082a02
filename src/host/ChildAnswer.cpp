#include "host/ChildAnswer.h"

bool IsValidAnswer(const ChildAnswer& a) {
    return a.magic == ChildAnswer::kMagic && a.version == 1 && a.kind >= AnswerKind::Picture &&
           a.kind <= AnswerKind::Facts && a.why <= AnswerWhy::Unknown && a.call <= AnswerCall::GetLocation;
}

const char* UnreadableText(AnswerWhy why) {
    switch (why) {
    case AnswerWhy::NotFound:
        return "not found";
    case AnswerWhy::PermissionDenied:
        return "permission denied";
    case AnswerWhy::NotRegular:
        return "not a regular file";
    default:
        return nullptr;
    }
}

const char* MeshProblemText(AnswerWhy why) {
    switch (why) {
    case AnswerWhy::MeshNotUnderstood:
        return "not a mesh file the reader understands";
    case AnswerWhy::MeshHoldsNoTriangles:
        return "the mesh holds no triangles";
    case AnswerWhy::MeshDrawsNothing:
        return "its triangles draw nothing (not-a-number, out-of-range or degenerate coordinates)";
    default:
        return nullptr;
    }
}
