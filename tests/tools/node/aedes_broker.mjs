// An MQTT broker that speaks 3.1 and 3.1.1 only (aedes), for the gateway's tests.
// Usage: node aedes_broker.mjs NODE_MODULES PORT [refuse]
// Listens on 127.0.0.1:PORT and prints "listening" once it does; prints "refused CODE" for every
// CONNECT it answers with a refusal. With "refuse" every client is refused as not authorised, with
// "refuse-subscribe" every subscription (SUBACK failure, 0x80).
import { createServer } from 'node:net'
import { join } from 'node:path'
import { pathToFileURL } from 'node:url'

const [modules, port, mode] = process.argv.slice(2)
const { Aedes } = await import(pathToFileURL(join(modules, 'aedes', 'aedes.js')).href)
const refuse = (client, user, password, done) => {
  const error = new Error('not authorised')
  error.returnCode = 5
  done(error, false)
}
const options = {
  refuse: { authenticate: refuse },
  // A subscription taken as nothing is refused.
  'refuse-subscribe': { authorizeSubscribe: (client, sub, done) => done(null, null) }
}
const broker = await Aedes.createBroker(options[mode] ?? {})
broker.on('connectionError', (client, error) => {
  console.log(`refused ${error.errorCode ?? '?'}`)
})
createServer(broker.handle).listen(Number(port), '127.0.0.1', () => console.log('listening'))
