#pragma once

#include "foundation/NVError.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// A code-signing requirement: which signatures are acceptable. The text form
// is the platform's requirement language, reduced to what updates need:
//
//   requirement := or-term
//   or-term     := and-term { "or" and-term }
//   and-term    := unary { "and" unary }
//   unary       := "!" unary | "(" requirement ")" | clause
//   clause      := "anchor" "apple" "generic"
//                | "certificate" "leaf" "[" "subject.OU" "]" "=" string
//                | "certificate" "leaf" "[" "field." oid "]" "exists"
//   string      := '"' { character | '\"' | '\\' } '"'
//
// "anchor apple generic" holds when the signer's chain ends in one of the
// trust anchors; "subject.OU" compares an organisational unit of the signing
// (leaf) certificate exactly; "field.OID exists" holds when the leaf carries
// an extension with that object identifier. Keywords are lower case; white
// space separates tokens. Texts longer than MaxTextLength or nested deeper
// than MaxDepth are refused, so no input can exhaust the stack.
//
// Immutable once created; copies share the parsed form. Any thread.
class NVCodeRequirement {
public:
    static constexpr int MaxTextLength = 16 * 1024;
    static constexpr int MaxDepth = 64;

    // What a requirement is evaluated against.
    class Subject {
    public:
        virtual ~Subject() = default;
        virtual bool chainsToAnchor() const = 0;
        virtual QStringList leafOrganizationalUnits() const = 0;
        virtual bool leafHasExtension(const QString &oid) const = 0;
    };

    // Parses a requirement. The error has the status errSecCSReqInvalid as its
    // code and says at which character and why the text was refused.
    static NVResult<NVCodeRequirement> create(QStringView text);

    bool isSatisfiedBy(const Subject &subject) const;
    // The requirement written back in the canonical form of the grammar,
    // fully parenthesised where "and" and "or" meet.
    QString text() const;

    struct Node;

private:
    explicit NVCodeRequirement(std::shared_ptr<const Node> root) : m_root(std::move(root)) {}
    std::shared_ptr<const Node> m_root;
};
