// The peer service for Thrift: the same three methods as the typed bridge and
// the gRPC service.
namespace cpp peers.thrift

service Peer {
  string greet(1: string name),
  i32 sum(1: i32 a, 2: i32 b),
  binary echo(1: binary data),
}
